// OpenSSL's FIPS state, with a seam for the tests.
#include "Fips.h"

#include <openssl/evp.h>

#include <atomic>

namespace Relay {
namespace WebServer {

namespace {
std::atomic<FipsQuery> fipsQuery{nullptr};
} // namespace

bool IsFipsEnabled() {
    if (const FipsQuery query = fipsQuery.load())
        return query();
    return EVP_default_properties_is_fips_enabled(nullptr) != 0;
}

void SetFipsQuery(FipsQuery query) {
    fipsQuery.store(query);
}

} // namespace WebServer
} // namespace Relay
