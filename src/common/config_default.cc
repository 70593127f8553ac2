// config_default: placeholder until the module lands.
