#pragma once
// A control-layer header that reaches up into the application: the layer check
// must refuse this tree.
#include "app/program_win.h"
