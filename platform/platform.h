// Everything the update logic may use of the platform: ANSI text rules,
// framework classes and the operating-system services behind them.
// Deliberately free of OS headers.
#pragma once

#include "platform/ansi_text.h"
#include "platform/code_page.h"
#include "platform/command_line.h"
#include "platform/framework.h"
#include "platform/services.h"
