#include "ornix.h"

int main(int argc, char **argv) { return ornix_main(argc, argv); }
