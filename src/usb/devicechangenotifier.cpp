#include "usb/devicechangenotifier.h"

DeviceChangeNotifier::DeviceChangeNotifier(QObject *parent)
    : QObject(parent)
{ }
