// The server's resources as a table: each route a method, a path pattern and what answers it.
// A pattern is matched segment by segment; a segment "{}" stands for any one non-empty segment
// (a job's id) and is handed to the handler.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvell::escl {

// Whether `path` matches `pattern`; *param is the segment "{}" stood for ("" when none).
bool MatchPath(std::string_view pattern, std::string_view path, std::string* param);

struct RouteFound {
  enum Result { kFound, kOtherMethod, kNone } result = kNone;
  size_t index = 0;   // the route, when found
  std::string param;  // the segment its "{}" stood for
  std::string allow;  // the methods the path has, when kOtherMethod ("GET, DELETE")
};

// The first route of `table` (items with `method` and `pattern`) for `method` and `path`.
template <class Table>
RouteFound FindRoute(const Table& table, std::string_view method, std::string_view path) {
  RouteFound found;
  size_t index = 0;
  for (const auto& route : table) {
    std::string param;
    if (MatchPath(route.pattern, path, &param)) {
      if (method == route.method) {
        found.result = RouteFound::kFound;
        found.index = index;
        found.param = std::move(param);
        found.allow.clear();
        return found;
      }
      found.result = RouteFound::kOtherMethod;
      if (found.allow.find(route.method) == std::string::npos)
        found.allow += (found.allow.empty() ? "" : ", ") + std::string(route.method);
    }
    ++index;
  }
  return found;
}

}  // namespace tarvell::escl
