#include <string>

#include "registration.hpp"

namespace py = pybind11;

namespace vorn::typing::text {

void refuse_pickling(py::handle cls, const char* qualified_name) {
  const std::string message = std::string("cannot pickle '") + qualified_name + "' object";
  py::setattr(cls, "__reduce_ex__",
              py::cpp_function([message](py::handle, py::handle) -> py::object { throw py::type_error(message); },
                               py::is_method(cls)));
}

}  // namespace vorn::typing::text
