// The reception service's host and key as an office sets them in the registry.
#pragma once

// Reads ServiceHost and AccessKey (REG_SZ) from HKLM\Software\Policies\Vestibra,
// then HKCU\Software\Vestibra, and points the requests at what the rules pick.
// With no usable value the compiled-in host and key stay as they are.
void loadServiceLocation();
