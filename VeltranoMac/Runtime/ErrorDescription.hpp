// What an error says about itself, for logs and for the page.
#pragma once

#include <exception>
#include <string>

namespace veltrano {

// what() of a std::exception (for Boost's system errors their message
// alone, without the source location Boost appends), a fixed text for
// anything else, including no error at all.
std::string describe(const std::exception_ptr& error);

}  // namespace veltrano
