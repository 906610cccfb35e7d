// A stand-in for a damaged ping library: IcmpSendEcho is missing, and calling either of the
// other two functions aborts the test.
#include <cstdlib>

extern "C" {
__attribute__((visibility("default"))) void* IcmpCreateFile() { std::abort(); }
__attribute__((visibility("default"))) int IcmpCloseHandle(void*) { std::abort(); }
}
