#include "driver/batch.hpp"
#include "platform/platform.hpp"

#if defined(_WIN32)
// Windows holds the arguments in UTF-16; they are taken so (wmain, linked
// with -municode) and become UTF-8 here, whatever the system's code page.
int wmain(int argc, wchar_t** argv) {
    const int status = quorvel::runBatch(argc, quorvel::platform::utf8Arguments(argc, argv));
    quorvel::platform::holdConsoleForReader();
    return status;
}
#else
int main(int argc, char** argv) { return quorvel::runBatch(argc, argv); }
#endif
