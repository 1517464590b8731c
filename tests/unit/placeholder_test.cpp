// Placeholder so the unit test binary links.
#include <gtest/gtest.h>
