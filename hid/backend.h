// The platform backend module this executable binds at run time. Defined by exactly one of
// the velto_hid_backend_* object libraries linked into the executable.
#pragma once

const char* HidBackendModule();
