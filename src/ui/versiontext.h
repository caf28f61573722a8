#pragma once

// The version texts are shared with every layer above the firmware file.
#include "firmware/versiontext.h"
