// Timeout is declared with the other remote errors.
#pragma once

#include "PreviewException.h"
