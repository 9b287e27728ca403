// vork: wraps raw 6809 code in a Thomson DOS binary header and footer.
#include <cstdio>

#include "platform.h"
#include "run.h"

int main(int argc, char* argv[]) {
    const char* const* arguments = vork::platform::utf8_arguments(argc, argv);
    vork::platform::console_begin();
    return vork::run(argc, arguments, stdout, stdin);
}
