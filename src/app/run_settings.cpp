// The process-wide settings record.
#include "app/run_settings.h"

RunSettings settings;
