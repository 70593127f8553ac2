// md5sum: placeholder until the module lands.
