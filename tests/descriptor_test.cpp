#include "sim_fixture.hpp"
