#include "xcommon/xutils/encoding.h"

#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

namespace {

constexpr std::size_t MIB = 1 << 20;

const std::string& randomBytes() {
  static const std::string bytes = [] {
    std::string b(MIB, '\0');
    std::mt19937 rng(42);
    for (auto& c : b) c = static_cast<char>(rng());
    return b;
  }();
  return bytes;
}

void BM_OpenSslEncodeBlock(benchmark::State& state) {
  const std::string& in = randomBytes();
  std::vector<unsigned char> out(in.size() / 3 * 4 + 8);
  for (auto _ : state)
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(),
                                             reinterpret_cast<const unsigned char*>(in.data()),
                                             static_cast<int>(in.size())));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_OpenSslEncodeBlock);

void BM_Base64Encode(benchmark::State& state) {
  const std::string& in = randomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(XUtils::base64Encode(in.data(), in.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_Base64Encode);

void BM_Base64urlEncode(benchmark::State& state) {
  const std::string& in = randomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(XUtils::base64urlEncode(in.data(), in.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_Base64urlEncode);

// Decoders are measured in bytes of text read.
void BM_OpenSslDecodeBlock(benchmark::State& state) {
  const std::string text = XUtils::base64Encode(randomBytes().data(), MIB);
  std::vector<unsigned char> out(MIB + 8);
  for (auto _ : state)
    benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(),
                                             reinterpret_cast<const unsigned char*>(text.data()),
                                             static_cast<int>(text.size())));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_OpenSslDecodeBlock);

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = XUtils::base64Encode(randomBytes().data(), MIB);
  std::vector<unsigned char> out(MIB);
  for (auto _ : state)
    benchmark::DoNotOptimize(XUtils::base64Decode(text.c_str(), out.data(), out.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Base64Decode);

void BM_Base64urlDecode(benchmark::State& state) {
  const std::string text = XUtils::base64urlEncode(randomBytes().data(), MIB);
  std::vector<unsigned char> out(MIB);
  for (auto _ : state)
    benchmark::DoNotOptimize(XUtils::base64urlDecode(text.c_str(), out.data(), out.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Base64urlDecode);

void BM_ToHexStr(benchmark::State& state) {
  const std::string& in = randomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(XUtils::toHexStr(in.data(), in.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(in.size()));
}
BENCHMARK(BM_ToHexStr);

void BM_FromHexStr(benchmark::State& state) {
  const std::string text = XUtils::toHexStr(randomBytes().data(), MIB);
  std::vector<unsigned char> out(MIB);
  for (auto _ : state)
    benchmark::DoNotOptimize(XUtils::fromHexStr(std::string_view(text), out.data(), out.size()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_FromHexStr);

}  // namespace
