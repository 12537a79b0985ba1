#include "agent/store_codec.hpp"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_c_format / ZSTD_d_format: the magicless frame
#include <zstd.h>

#include <memory>

namespace agent::store_codec {
namespace {

// Level 3 (zstd's default): against a keyframe the frame is as small at 3 as at 19.
constexpr int kLevel = 3;

struct FreeCctx {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct FreeDctx {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

// One context per thread: the store's writer and each reader pack and unpack
// on their own threads.
ZSTD_CCtx* compressor()
{
    thread_local std::unique_ptr<ZSTD_CCtx, FreeCctx> cctx(ZSTD_createCCtx());
    return cctx.get();
}

ZSTD_DCtx* decompressor()
{
    thread_local std::unique_ptr<ZSTD_DCtx, FreeDctx> dctx(ZSTD_createDCtx());
    return dctx.get();
}

}  // namespace

std::optional<Bytes> pack(const Bytes& base, const Bytes& body)
{
    ZSTD_CCtx* c = compressor();
    if (c == nullptr || body.size() > kMostBodyBytes) return std::nullopt;
    ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(c, ZSTD_c_format, ZSTD_f_zstd1_magicless);
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 0);
    ZSTD_CCtx_setParameter(c, ZSTD_c_contentSizeFlag, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_dictIDFlag, 0);
    if (!base.empty() && ZSTD_isError(ZSTD_CCtx_refPrefix(c, base.data(), base.size()))) return std::nullopt;
    Bytes frame(ZSTD_compressBound(body.size()));
    const std::size_t size = ZSTD_compress2(c, frame.data(), frame.size(), body.data(), body.size());
    if (ZSTD_isError(size)) return std::nullopt;
    frame.resize(size);
    return frame;
}

std::optional<Bytes> unpack(const Bytes& base, const Bytes& frame)
{
    ZSTD_DCtx* d = decompressor();
    if (d == nullptr || frame.empty()) return std::nullopt;
    ZSTD_DCtx_reset(d, ZSTD_reset_session_and_parameters);
    ZSTD_DCtx_setParameter(d, ZSTD_d_format, ZSTD_f_zstd1_magicless);
    // A frame that asks for a larger window than a body can need is refused.
    ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, 17);
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader_advanced(&header, frame.data(), frame.size(), ZSTD_f_zstd1_magicless) != 0) return std::nullopt;
    if (header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || header.frameContentSize > kMostBodyBytes)
        return std::nullopt;
    if (!base.empty() && ZSTD_isError(ZSTD_DCtx_refPrefix(d, base.data(), base.size()))) return std::nullopt;
    Bytes body(static_cast<std::size_t>(header.frameContentSize));
    // The streaming call is the one that honours the prefix and the format.
    ZSTD_inBuffer in{frame.data(), frame.size(), 0};
    ZSTD_outBuffer out{body.data(), body.size(), 0};
    const std::size_t left = ZSTD_decompressStream(d, &out, &in);
    if (ZSTD_isError(left) || left != 0 || out.pos != body.size() || in.pos != frame.size()) return std::nullopt;
    return body;
}

}  // namespace agent::store_codec
