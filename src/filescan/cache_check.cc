// cache_check: placeholder until the module lands.
