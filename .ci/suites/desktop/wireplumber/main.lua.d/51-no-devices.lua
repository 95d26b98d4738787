-- WirePlumber 0.4: the desktop test's session manager drives no sound card,
-- MIDI port or camera, only the null sink the test makes. Read after the
-- packaged 50-*-config.lua, which enable them.
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
