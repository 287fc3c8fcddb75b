/* The generated proxy/stub code of QxClassFactoryPs.idl. */
/* Generated code: handler routines with unused parameters and tables of partial initialisers. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include "QxClassFactoryPs_p.c"
#pragma GCC diagnostic pop

#include "versionserver/NdrFrameCheck.h"
