// State files: the contents of a simulated board's chips kept between program
// runs (qzsim_save_state and qzsim_load_state in qzsim.h).
#pragma once

#include <stdexcept>
#include <string>

namespace qzsim {

// A mistake in a state file; what() is "file:line: what" (or "file: what").
class StateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads a state file's text (named `path` in messages) onto the chips on the
// bench: all of it, or on a mistake (StateError) none of it.
void loadStateText(const std::string& text, const std::string& path);

}  // namespace qzsim
