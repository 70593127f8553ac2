#include "ornixfs.h"

int main(int argc, char **argv) { return ornixfs_main(argc, argv); }
