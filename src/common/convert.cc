// convert: placeholder until the module lands.
