// ornixfs: placeholder until the module lands.
#include "ornixfs.h"
int ornixfs_main(int, char **) { return 0; }
