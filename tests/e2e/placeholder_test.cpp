// Placeholder so the e2e test binary links.
#include <gtest/gtest.h>
