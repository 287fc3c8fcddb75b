/* The proxy/stub library's class, then the routines that widl's list of proxy files needs. */
#define PROXY_CLSID_IS \
  { 0x5c1d9a2e, 0x7b3f, 0x4e61, { 0x9c, 0x4d, 0x2a, 0x8e, 0x6f, 0x0b, 0x1d, 0x37 } }
#include "dlldata.c"
