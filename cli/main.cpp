#include "cli/program.h"

int main(int argc, char** argv) {
    tw::TarnwickMain(argc, argv);
}
