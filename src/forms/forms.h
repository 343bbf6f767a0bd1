// Everything a window needs from the component framework.
#pragma once

#include "forms/application.h"
#include "forms/backend.h"
#include "forms/controls.h"
#include "forms/strings.h"
