// Control of the test binding of the trace-controller signature check.
#pragma once

namespace controller_signer_test {

// Makes the chain policy of the test binding report an error (or pass again).
void SetChainPolicyFails(bool fails);

}  // namespace controller_signer_test
