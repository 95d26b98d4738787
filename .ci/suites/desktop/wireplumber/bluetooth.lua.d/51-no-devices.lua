-- WirePlumber 0.4: no Bluetooth devices for the desktop test.
bluez_monitor.enabled = false
