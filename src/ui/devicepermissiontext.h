#pragma once

// The permission advice belongs to the USB layer; the window shows it.
#include "usb/devicepermissiontext.h"
