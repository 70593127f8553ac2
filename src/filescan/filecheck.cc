// filecheck: placeholder until the module lands.
