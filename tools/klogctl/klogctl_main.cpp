// klogctl: lists the host-wide log registry and reads or changes the log
// level of a running process by its block name.
#include <iostream>

#include "klogctl_cli.h"

int main(int argc, char **argv) {
    return klogctl::Run(argc, argv, std::cout, std::cerr);
}
