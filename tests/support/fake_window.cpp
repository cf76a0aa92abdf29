#include "support/fake_window.h"
