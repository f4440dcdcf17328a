#include "brix/form_data.h"

namespace brix {

FormData::FormData() {}

FormData::~FormData() {}

void FormData::put(const std::string& name, const std::string& value) {
    fields[name].push_back(value);
}

std::string FormData::get_value(const std::string& name) {
    const std::vector<std::string>& values = fields[name];
    return values.empty() ? std::string() : values.front();
}

}  // namespace brix
