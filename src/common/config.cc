// config: placeholder until the module lands.
