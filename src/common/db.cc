// db: placeholder until the module lands.
