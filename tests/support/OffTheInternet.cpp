// Linked whole into every suite (tests/CMakeLists.txt).
#include <cstdlib>

namespace {

// A tracker made without a URL sends to its production collector. The suites
// never reach past this machine: such requests go to a proxy on a loopback
// port where nothing listens and fail there, with no name looked up (a
// lookup still under way at exit is all that LeakSanitizer would see of
// it), while every collector a test starts on this machine is reached
// directly. Set before main(), before any thread of the SDK; a test that
// sets a proxy of its own does so in its own process (ctest runs each case
// alone).
const bool kOffTheInternet = [] {
  ::setenv("https_proxy", "http://127.0.0.1:1", 1);
  ::setenv("http_proxy", "http://127.0.0.1:1", 1);
  ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
  return true;
}();

}  // namespace
