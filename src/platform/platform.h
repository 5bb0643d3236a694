// Operating-system services used by hotbatch, one header per concern; nothing outside
// src/platform includes an OS header. Each concern has a POSIX and a Win32 file of its name.
#pragma once

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/durable.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/notify.h"
#include "platform/processes.h"
#include "platform/service.h"
#include "platform/signals.h"
#include "platform/watch.h"
