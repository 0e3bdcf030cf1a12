#pragma once

// Every public header of libxcommon.
#include "xcommon/cron_schedule.h"
#include "xcommon/xaccesstoken.h"
#include "xcommon/xlogger.h"
#include "xcommon/xtime.h"
#include "xcommon/xutils.h"
