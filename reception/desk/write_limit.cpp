#include "desk/write_limit.h"

#include <algorithm>

#include "desk/answers.h"

DeskWriteLimit::DeskWriteLimit(unsigned perSecond)
    : perSecond_(std::max(perSecond, 1u)), burst_(perSecond_ * deskWriteBurstSeconds) {}

void DeskWriteLimit::configure(unsigned perSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  perSecond_ = std::max(perSecond, 1u);
  burst_ = perSecond_ * deskWriteBurstSeconds;
  buckets_.clear();
}

std::int64_t DeskWriteLimit::take(std::int64_t accountId, std::int64_t nowMs) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [found, added] = buckets_.try_emplace(accountId, Bucket{burst_, nowMs});
  Bucket& bucket = found->second;
  if (!added && nowMs > bucket.at) {
    bucket.tokens = std::min(burst_, bucket.tokens + static_cast<double>(nowMs - bucket.at) * perSecond_ / 1000);
    bucket.at = nowMs;
  }
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return 0;
  }
  return std::max<std::int64_t>(1, static_cast<std::int64_t>((1 - bucket.tokens) * 1000 / perSecond_ + 0.999));
}

std::optional<HttpResponse> deskWriteRefusal(DeskWriteLimit& limit, std::int64_t accountId, std::int64_t nowMs) {
  std::int64_t waitMs = limit.take(accountId, nowMs);
  if (waitMs == 0) return std::nullopt;
  HttpResponse answer = errorAnswer(429, "This account is making changes faster than the desk allows. Please wait a moment.");
  answer.headers.emplace_back("Retry-After", std::to_string((waitMs + 999) / 1000));
  return answer;
}
