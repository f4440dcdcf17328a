#include "brix/cgi_context.h"

#include <exception>

namespace brix {

CGIContext::CGIContext(const std::string& name, const std::string& path, const std::string& factory,
                       const std::string& catalog)
    : name(name), dll(path.c_str()), cgilet(nullptr), catalog(catalog) {
    if (dll.module == nullptr) {
        failure = dll.error;
        return;
    }
    void* symbol = dll.get_symbol(factory.c_str());
    if (symbol == nullptr) {
        failure = dll.error.empty() ? "no export named " + factory : dll.error;
        return;
    }
    // The library exports the factory with C linkage; its address comes back untyped. A factory
    // that throws makes no object: the row is unusable like one whose factory returns null.
    try {
        cgilet = reinterpret_cast<CgiletFactory>(symbol)();
    } catch (const std::exception& error) {
        failure = "the factory " + factory + " threw: " + error.what();
        return;
    } catch (...) {
        failure = "the factory " + factory + " threw an exception of an unknown type";
        return;
    }
    if (cgilet == nullptr) failure = "the factory " + factory + " returned no object";
}

CGIContext::~CGIContext() {
    delete cgilet;
    cgilet = nullptr;
    dll.close();
}

bool CGIContext::usable() const { return cgilet != nullptr; }

std::string CGIContext::failure_text() const { return failure; }

}  // namespace brix
