// libstdc++'s default terminate handler names the type of the exception in
// flight, and for that it links in the whole C++ name demangler (about
// 45 KB). The program throws nothing; ending at once is all it needs.
// Linked into the Windows exe, where the size counts (it stays under 1 MB).
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
