// clamav_lib: placeholder until the module lands.
