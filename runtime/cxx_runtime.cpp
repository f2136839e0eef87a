// Pieces of the C++ run-time that the installer provides itself, linked into
// every build of the installer only (the test programs keep the toolchain's).
// Each definition here keeps a part of the statically linked libstdc++ out of the
// executable; none changes what the program does while it works correctly.
// (The guards of function-local statics are in static_init_guards.cpp.)
#include <cstdlib>
#include <exception>
#include <new>

// The default terminate handler. The toolchain's prints the type and text of
// an uncaught exception to standard error, which a GUI program does not have,
// and for that links the whole C++ demangler (about 45 KiB); both end in
// abort().
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

// What the standard containers and strings call when asked for the
// impossible. The toolchain's throw the standard exceptions, whose classes
// carry a reference-counted string of their own and so link a second string
// implementation with its streams-era helpers (about 60 KiB). In this
// program nothing catches those exceptions: the download worker catches the
// framework's exceptions and std::bad_alloc, and the one catch-all rethrows.
// So they end the program as an uncaught exception does; the allocation
// failures are thrown as before, for the worker to report.
namespace std {
void __throw_bad_alloc() { throw std::bad_alloc(); }
void __throw_bad_array_new_length() { throw std::bad_array_new_length(); }
void __throw_length_error(const char*) { std::terminate(); }
void __throw_logic_error(const char*) { std::terminate(); }
void __throw_out_of_range(const char*) { std::terminate(); }
void __throw_out_of_range_fmt(const char*, ...) { std::terminate(); }
void __throw_invalid_argument(const char*) { std::terminate(); }
}  // namespace std
