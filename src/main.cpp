// vork: wraps raw 6809 code in a Thomson DOS binary header and footer.
#include <cstdio>

#include "run.h"

int main(int argc, char* argv[]) {
    return vork::run(argc, argv, stdout, stdin);
}
