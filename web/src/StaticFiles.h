// The pages, styles and scripts of web/static, compiled into the program.
#pragma once

#include <map>
#include <string_view>

namespace qva_web {

// "/static/<file name>" -> the file's bytes.
const std::map<std::string_view, std::string_view>& staticFiles();

}  // namespace qva_web
