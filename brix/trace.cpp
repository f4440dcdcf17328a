#include "brix/trace.h"

#include <iostream>

namespace brix {

void trace(const std::string& line) { std::cout << line + "\n" << std::flush; }

void trace_error(const std::string& line) { std::cerr << line + "\n" << std::flush; }

}  // namespace brix
