// End-to-end tests of the sprtool program.
#include <gtest/gtest.h>

#include "test_support.h"
