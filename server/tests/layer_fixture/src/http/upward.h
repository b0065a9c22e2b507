// Planted for the layer check's own test: the HTTP engine may not see the store.
#pragma once

#include "store/store.h"
