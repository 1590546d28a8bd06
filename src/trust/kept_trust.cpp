#include "trust/kept_trust.h"

#include <optional>
#include <utility>

#include "state/kept_files.h"
#include "trust/cdn_paths.h"
#include "trust/signature_serials.h"
#include "trust/trust_files.h"

namespace fs = std::filesystem;

KeptTrust::KeptTrust(const SignatureCrypto& crypto, std::vector<TrustedKey> builtIn,
                     std::vector<TrustedKey> roots, fs::path stateDirectory)
    : state_(std::move(stateDirectory)) {
  if (roots.empty()) {
    // Without roots no key set is ever fetched, nor a kept one used.
    trust_ = std::make_unique<DocumentTrust>(crypto, std::move(builtIn), std::vector<TrustedKey>{},
                                             std::set<std::string>{});
    return;
  }
  // The first problem is the one reported; every file is still read, so
  // that each is looked at the same way whichever fails.
  const auto read = [&](const char* name) {
    std::string problem;
    std::optional<std::string> text = ReadKeptText(state_, name, problem);
    if (problem_.empty()) problem_ = problem;
    return text;
  };
  std::set<std::string> retired;
  if (std::optional<std::string> text = read(RetiredRootsFileName)) {
    std::optional<std::set<std::string>> parsed = ParseRetiredRoots(*text);
    if (parsed) {
      retired = std::move(*parsed);
    } else if (problem_.empty()) {
      problem_ = KeptFileUnparsable(RetiredRootsFileName);
    }
  }
  const std::optional<std::string> kept = read(KeptKeySetFileName);
  const std::optional<std::string> keptSignature = read(KeptKeySetSignatureFileName);
  trust_ = std::make_unique<DocumentTrust>(crypto, std::move(builtIn), roots, retired);
  if (!problem_.empty()) return;
  if ((kept || keptSignature) &&
      !(kept && keptSignature && trust_->LoadKeySet(*kept, *keptSignature))) {
    // A set was accepted once, but what is kept no longer verifies. The keys
    // built in may be the very ones that set replaced, so nothing is trusted
    // until a set is accepted.
    keptSetBroken_ = true;
    trust_ = std::make_unique<DocumentTrust>(crypto, std::vector<TrustedKey>{}, std::move(roots),
                                             std::move(retired));
  } else if (kept) {
    keptBody_ = *kept;
    keptSignature_ = *keptSignature;
  }
}

KeptTrust::~KeptTrust() = default;

TrustRefusal KeptTrust::Verify(const std::string& path, const std::string& body,
                               const std::string& signatureBody, int64_t now,
                               DocumentSignature& signature) const {
  if (!problem_.empty()) return {SignatureFailure::TrustFileUnusable, problem_};
  std::string problem;
  const std::optional<SignatureSerials> floors = ReadSignatureSerials(state_, problem);
  if (!floors) return {SignatureFailure::TrustFileUnusable, problem};
  auto floor = floors->find(path);
  return {trust_->Check(path, body, signatureBody, now,
                        floor == floors->end() ? SignatureFloor{} : floor->second, signature),
          {}};
}

TrustRefusal KeptTrust::RaiseFloor(const std::string& path, const DocumentSignature& signature) {
  std::string problem;
  if (!RecordSignatureSerial(state_, path, {signature.serial, signature.sha256, signature.keyid},
                             problem)) {
    return {SignatureFailure::TrustFileNotKept, problem};
  }
  return {};
}

bool KeptTrust::IsSetInForce(const std::string& body, const std::string& signatureBody) const {
  return trust_->keySetInForce() && body == keptBody_ && signatureBody == keptSignature_;
}

KeySetAcceptance KeptTrust::AcceptKeySet(const std::string& body, const std::string& signatureBody,
                                         int64_t now) {
  KeySetAcceptance result;
  const auto refuse = [&](SignatureFailure failure, std::string detail) {
    result.refusal = {failure, std::move(detail)};
    return result;
  };
  if (!problem_.empty()) return refuse(SignatureFailure::TrustFileUnusable, problem_);
  std::string problem;
  std::optional<SignatureSerials> floors = ReadSignatureSerials(state_, problem);
  if (!floors) return refuse(SignatureFailure::TrustFileUnusable, problem);
  auto keySetFloor = floors->find(KeySetPath);
  const SignatureFloor floor =
      keySetFloor == floors->end() ? SignatureFloor{} : keySetFloor->second;

  // Judged on a copy: what is in force changes only once everything is kept.
  auto next = std::make_unique<DocumentTrust>(*trust_);
  const SignatureFailure failure =
      next->AcceptKeySet(body, signatureBody, now, floor, result.signature, result.newlyRetired);
  if (failure != SignatureFailure::None) return refuse(failure, {});

  // Retirement first: it must outlast anything else kept. Then the floor,
  // so that a crash before the set is kept leaves a floor the same set
  // still passes.
  std::string error;
  if (!result.newlyRetired.empty() &&
      !WriteKeptFile(state_, RetiredRootsFileName, FormatRetiredRoots(next->retiredRoots()),
                     &error)) {
    return refuse(SignatureFailure::TrustFileNotKept,
                  KeptFileUnwritable(RetiredRootsFileName, error));
  }
  // Set, not raised: a floor by a root this set retires did not hold it
  // back, and must not hold back its successors either.
  (*floors)[KeySetPath] = {result.signature.serial, result.signature.sha256,
                           result.signature.keyid};
  if (!WriteSignatureSerials(state_, *floors, problem)) {
    return refuse(SignatureFailure::TrustFileNotKept, problem);
  }
  const std::pair<const char*, const std::string*> files[] = {
      {KeptKeySetSignatureFileName, &signatureBody}, {KeptKeySetFileName, &body}};
  for (const auto& [name, bytes] : files) {
    if (!WriteKeptFile(state_, name, *bytes, &error)) {
      return refuse(SignatureFailure::TrustFileNotKept, KeptFileUnwritable(name, error));
    }
  }
  trust_ = std::move(next);
  keptSetBroken_ = false;
  keptBody_ = body;
  keptSignature_ = signatureBody;

  bool dropped = false;
  for (auto kept = floors->begin(); kept != floors->end();) {
    if (trust_->FloorStands(kept->second)) {
      ++kept;
    } else {
      kept = floors->erase(kept);
      dropped = true;
    }
  }
  if (dropped && !WriteSignatureSerials(state_, *floors, problem)) result.floorsKept = problem;
  return result;
}
