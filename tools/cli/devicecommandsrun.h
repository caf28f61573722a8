#pragma once

// What each device command runs, for its entry in the command table
// (devicecommand.cpp). Main thread.

#include <QString>

class DeviceCommandContext;

QString runList(DeviceCommandContext &context);
QString runFlash(DeviceCommandContext &context);
QString runStartApp(DeviceCommandContext &context);
QString runRestart(DeviceCommandContext &context);
QString runReadConfig(DeviceCommandContext &context);
QString runWriteConfig(DeviceCommandContext &context);
QString runReadSettings(DeviceCommandContext &context);
QString runWriteSettings(DeviceCommandContext &context);
QString runClearSettings(DeviceCommandContext &context);
QString runSetIdentity(DeviceCommandContext &context);
QString runLoadKeys(DeviceCommandContext &context);
QString runJtagLock(DeviceCommandContext &context);
