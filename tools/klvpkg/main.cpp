#include <iostream>

#include "tools/klvpkg/klvpkg_app.h"

int main(int argc, char** argv) {
    return RunKlvpkg(argc, argv, std::cout, std::cerr);
}
