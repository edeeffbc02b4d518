// The path from a server's certificate to the configured CA: which certificates it takes and
// the rules along it, over certificates described by hand and a signature relation of the test's
// own (who signed whom).
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "shared/nats/cert_path.h"

namespace pm::nats {
namespace {

constexpr int64_t kNow = 1'700'000'000;

CertFacts Cert(const std::string& subject, const std::string& issuer, bool ca) {
    CertFacts c;
    c.der = "der:" + subject + "<" + issuer + (ca ? ":ca" : "");
    c.subject = subject;
    c.issuer = issuer;
    c.name = "CN=" + subject;
    c.not_before = kNow - 3600;
    c.not_after = kNow + 3600;
    c.has_basic_constraints = ca;
    c.ca = ca;
    return c;
}

struct Chain {
    CertFacts ca = Cert("fleet CA", "fleet CA", true);
    std::vector<CertFacts> sent;
    std::set<std::pair<size_t, size_t>> signs; // (subject, issuer) whose signature verifies

    PathVerdict Check(int64_t now = kNow) const {
        return CheckServerPath(sent, ca, now, [&](size_t subject, size_t issuer) {
            return signs.count({subject, issuer}) > 0;
        });
    }
};

// leaf <- CA
Chain Direct() {
    Chain c;
    c.sent.push_back(Cert("localhost", "fleet CA", false));
    c.signs.insert({0, kCaIndex});
    return c;
}

// leaf <- intermediate <- CA, with a certificate that has nothing to do with it sent first.
Chain ViaIntermediate() {
    Chain c;
    c.sent.push_back(Cert("localhost", "issuing CA", false));
    c.sent.push_back(Cert("other", "fleet CA", false));
    c.sent.push_back(Cert("issuing CA", "fleet CA", true));
    c.signs = {{0, 2}, {2, kCaIndex}, {1, kCaIndex}};
    return c;
}

TEST(CertPath, TakesTheConfiguredCaDirectlyOrThroughTheSentChain) {
    const PathVerdict direct = Direct().Check();
    EXPECT_EQ(direct.error, PathError::kNone);
    EXPECT_EQ(direct.path, (std::vector<size_t>{0, kCaIndex}));
    const PathVerdict via = ViaIntermediate().Check();
    EXPECT_EQ(via.error, PathError::kNone);
    EXPECT_EQ(via.path, (std::vector<size_t>{0, 2, kCaIndex}));
}

TEST(CertPath, ARootWithTheCasNameButAnotherKeyLeadsNowhere) {
    // The forged root copies the CA's name (and anything else but the key): it signed the leaf,
    // the CA's key verifies neither.
    Chain c;
    c.sent.push_back(Cert("localhost", "fleet CA", false));
    c.sent.push_back(Cert("fleet CA", "fleet CA", true));
    c.signs = {{0, 1}, {1, 1}};
    const PathVerdict v = c.Check();
    EXPECT_EQ(v.error, PathError::kUnknownIssuer);
    EXPECT_EQ(v.at, 1u);
    // The CA's name on a leaf its key did not sign is not enough either.
    Chain alone;
    alone.sent.push_back(Cert("localhost", "fleet CA", false));
    EXPECT_EQ(alone.Check().error, PathError::kUnknownIssuer);
    EXPECT_EQ(alone.Check().at, 0u);
    // A signature that verifies under another name is no link.
    Chain renamed = Direct();
    renamed.sent[0].issuer = "fleet CA 2";
    EXPECT_EQ(renamed.Check().error, PathError::kUnknownIssuer);
}

TEST(CertPath, TheConfiguredCertificateItselfIsTakenAsItIs) {
    Chain c;
    c.ca = Cert("localhost", "localhost", false);
    c.sent.push_back(c.ca);
    const PathVerdict v = c.Check();
    EXPECT_EQ(v.error, PathError::kNone);
    EXPECT_EQ(v.path, (std::vector<size_t>{kCaIndex}));
    c.ca.not_after = kNow - 1; // and its dates still count
    c.sent[0].not_after = kNow - 1;
    EXPECT_EQ(c.Check().error, PathError::kExpired);
}

TEST(CertPath, EveryCertificatesDatesCountToTheSecond) {
    for (const size_t which : {size_t{0}, size_t{2}, kCaIndex}) {
        SCOPED_TRACE(which);
        Chain c = ViaIntermediate();
        CertFacts& f = which == kCaIndex ? c.ca : c.sent[which];
        f.not_before = kNow;
        f.not_after = kNow + 10;
        EXPECT_EQ(c.Check(kNow).error, PathError::kNone);
        EXPECT_EQ(c.Check(kNow + 10).error, PathError::kNone);
        const PathVerdict early = c.Check(kNow - 1);
        EXPECT_EQ(early.error, PathError::kNotYetValid);
        EXPECT_EQ(early.at, which);
        const PathVerdict late = c.Check(kNow + 11);
        EXPECT_EQ(late.error, PathError::kExpired);
        EXPECT_EQ(late.at, which);
    }
}

TEST(CertPath, AnIssuerMustBeACa) {
    Chain ee = ViaIntermediate(); // an end-entity certificate that signed the leaf
    ee.sent[2].ca = false;
    EXPECT_EQ(ee.Check().error, PathError::kNotACa);
    EXPECT_EQ(ee.Check().at, 2u);
    Chain none = ViaIntermediate(); // no basic constraints at all
    none.sent[2].has_basic_constraints = false;
    EXPECT_EQ(none.Check().error, PathError::kNotACa);
    Chain v1 = none; // a version 1 intermediate is no CA either
    v1.sent[2].version1 = true;
    EXPECT_EQ(v1.Check().error, PathError::kNotACa);
    // The configured CA may be a version 1 certificate, but not one that says it is no CA.
    Chain ca_v1 = Direct();
    ca_v1.ca.has_basic_constraints = false;
    ca_v1.ca.ca = false;
    ca_v1.ca.version1 = true;
    EXPECT_EQ(ca_v1.Check().error, PathError::kNone);
    Chain ca_ee = Direct();
    ca_ee.ca.ca = false;
    EXPECT_EQ(ca_ee.Check().error, PathError::kNotACa);
    EXPECT_EQ(ca_ee.Check().at, kCaIndex);
}

TEST(CertPath, PathLengthAndKeyUsagesOfIssuersAndServer) {
    Chain c = ViaIntermediate();
    c.ca.path_len = 1;
    c.sent[2].path_len = 0;
    EXPECT_EQ(c.Check().error, PathError::kNone);
    c.ca.path_len = 0; // one CA below the configured one is one too many
    EXPECT_EQ(c.Check().error, PathError::kPathLength);
    EXPECT_EQ(c.Check().at, kCaIndex);

    Chain ku = ViaIntermediate();
    ku.sent[2].has_key_usage = true;
    ku.sent[2].key_cert_sign = true;
    EXPECT_EQ(ku.Check().error, PathError::kNone);
    ku.sent[2].key_cert_sign = false;
    EXPECT_EQ(ku.Check().error, PathError::kNoCertSign);
    EXPECT_EQ(ku.Check().at, 2u);

    // The server's certificate must be for servers; an issuer's own usage is not the server's.
    c = ViaIntermediate();
    c.sent[0].has_ext_key_usage = true;
    EXPECT_EQ(c.Check().error, PathError::kNotForServers);
    c.sent[0].server_auth = true;
    EXPECT_EQ(c.Check().error, PathError::kNone);
    c.sent[2].has_ext_key_usage = true;
    EXPECT_EQ(c.Check().error, PathError::kNone);
}

TEST(CertPath, UnknownCriticalExtensionsAreRefusedAnywhere) {
    for (const size_t which : {size_t{0}, size_t{2}, kCaIndex}) {
        Chain c = ViaIntermediate();
        CertFacts& f = which == kCaIndex ? c.ca : c.sent[which];
        f.critical_extensions = {"2.5.29.19", "2.5.29.15", "2.5.29.17"};
        EXPECT_EQ(c.Check().error, PathError::kNone);
        f.critical_extensions.push_back("2.5.29.30"); // name constraints: not applied here
        EXPECT_EQ(c.Check().error, PathError::kCriticalExtension);
        EXPECT_EQ(c.Check().at, which);
    }
}

TEST(CertPath, LongAndCircularChainsEnd) {
    // leaf <- i1 <- ... <- iN <- CA
    auto chain = [](size_t intermediates) {
        Chain c;
        c.sent.push_back(Cert("localhost", "i1", false));
        for (size_t i = 1; i <= intermediates; ++i) {
            const std::string up = i == intermediates ? "fleet CA" : "i" + std::to_string(i + 1);
            c.sent.push_back(Cert("i" + std::to_string(i), up, true));
            c.signs.insert({i - 1, i});
        }
        c.signs.insert({intermediates, kCaIndex});
        return c;
    };
    EXPECT_EQ(chain(kMaxIntermediates).Check().error, PathError::kNone);
    EXPECT_EQ(chain(kMaxIntermediates + 1).Check().error, PathError::kTooLong);

    Chain loop; // two CAs that signed each other, neither signed by the configured one
    loop.sent.push_back(Cert("localhost", "a", false));
    loop.sent.push_back(Cert("a", "b", true));
    loop.sent.push_back(Cert("b", "a", true));
    loop.signs = {{0, 1}, {1, 2}, {2, 1}};
    EXPECT_EQ(loop.Check().error, PathError::kUnknownIssuer);

    // Only the first kMaxSent certificates of what the server sent are looked at.
    Chain many = Direct();
    many.signs.clear();
    while (many.sent.size() < kMaxSent)
        many.sent.push_back(Cert("junk", "junk", false));
    many.sent.push_back(Cert("fleet CA", "fleet CA", true));
    many.sent[0].issuer = "fleet CA";
    many.signs = {{0, kMaxSent}, {kMaxSent, kCaIndex}};
    many.sent[kMaxSent].der = "cross-signed";
    EXPECT_EQ(many.Check().error, PathError::kUnknownIssuer);
    EXPECT_EQ(CheckServerPath({}, Direct().ca, kNow, [](size_t, size_t) { return true; }).error,
              PathError::kUnknownIssuer);
}

} // namespace
} // namespace pm::nats
