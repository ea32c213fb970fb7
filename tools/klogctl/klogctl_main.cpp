// klogctl: lists the host-wide log registry and reads or sets a process's log level by block name.
#include <iostream>

#include "klogctl_cli.h"

int main(int argc, char **argv) {
    return klogctl::Run(argc, argv, std::cout, std::cerr);
}
