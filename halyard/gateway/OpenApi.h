#pragma once
// The API described as OpenAPI 3.1 (packaging/openapi.json, built in), and the routes the server
// answers, from which it routes: a test holds the two to each other.
#include <string>
#include <vector>

namespace Halyard::Gateway {

const std::string& OpenApiDocument();

struct TApiRoute {
  const char* Path;     // "{id}" stands for a message's or webhook's number
  const char* Methods;  // "GET, POST"
};
const std::vector<TApiRoute>& ApiRoutes();

}  // namespace Halyard::Gateway
