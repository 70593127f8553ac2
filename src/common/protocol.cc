// protocol: placeholder until the module lands.
