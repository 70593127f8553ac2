// md5: placeholder until the module lands.
