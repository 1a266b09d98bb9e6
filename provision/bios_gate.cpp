// bios_gate
