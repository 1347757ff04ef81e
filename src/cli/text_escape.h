// Text from outside (paths, messages naming them) made safe to print.
#pragma once

#include <string>
#include <string_view>

namespace ovk::cli {

// `text` for a terminal or a one-line report: well-formed UTF-8 stays as it
// is, except control characters (C0, DEL and C1), which become \n, \r, \t or
// \xHH; every byte of ill-formed UTF-8 becomes \xHH. The result never holds
// a line break or an escape sequence the terminal would act on.
std::string escape_for_terminal(std::string_view text);

}  // namespace ovk::cli
