// Source locations of the errors the scan phase builds.
#pragma once

#include "hostservices/CLoError.h"

// The location of an error raised by the operation whose signature text is given.
#define KZ_LOCATION(signature) (FXCodeLocation{"KzFind", (signature), __LINE__})
