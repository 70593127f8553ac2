#include "ornixup.h"

int main(int argc, char **argv) { return ornixup_main(argc, argv); }
