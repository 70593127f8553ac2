// log: placeholder until the module lands.
