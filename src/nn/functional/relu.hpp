// nn.functional.relu: its binding.
#pragma once

#include "binding/python.hpp"

namespace zavra::nn::functional {

extern PyMethodDef relu_def;

}  // namespace zavra::nn::functional
