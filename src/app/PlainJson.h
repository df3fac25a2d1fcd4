#pragma once

#include <boost/json/value.hpp>
#include <string>

namespace quorvin::app {

// The JSON text of `value` as a person or a script expects to read it: floating-point
// numbers in plain decimal form ("2.5", "0.0", never "2.5E0"), exact to the last digit
// that tells the double apart; a value that is not finite is written as null. Strings,
// integers and structure are written as Boost.JSON writes them. The one writer of every
// command's --json output.
std::string plainJson(const boost::json::value& value);

}  // namespace quorvin::app
