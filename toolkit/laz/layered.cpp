// The layered chunks: the chunk's frame (first record, count, layer sizes,
// layers) around the item coders of layered_point14.h and layered_attributes.h.
#include "layered.h"

#include <cstring>
#include <memory>

#include "layered_attributes.h"
#include "layered_point14.h"

namespace laz {

namespace {

using namespace layered;

// Where each item of the record lies, checked against the record length.
struct ItemPlan {
    size_t pointAt = 0;
    int colourAt = -1, waveAt = -1, bytesAt = -1;  // -1: absent
    bool nir = false, pointV4 = false, colourV4 = false, waveV4 = false, bytesV4 = false;
    size_t extraBytes = 0;
    std::vector<uint16_t> order;  // item types as listed: the order of their layers
};

std::string plan_items(const Compression& c, uint16_t recordLength, ItemPlan& plan) {
    size_t at = 0;
    bool seen[5] = {};
    for (size_t i = 0; i < c.items.size(); ++i) {
        const Item& item = c.items[i];
        if (item.type < kPoint14 || item.type > kByte14)
            return "item type " + std::to_string(item.type) + " in a layered chunk";
        if (item.version != 3 && item.version != 4)
            return "item type " + std::to_string(item.type) + " version " + std::to_string(item.version) +
                   " (versions 3 and 4 are read)";
        if (seen[item.type - kPoint14]) return "item type " + std::to_string(item.type) + " listed twice";
        seen[item.type - kPoint14] = true;
        if ((i == 0) != (item.type == kPoint14)) return "the first item of a layered chunk must be point14";
        const bool v4 = item.version == 4;
        size_t size = 0;
        switch (item.type) {
        case kPoint14: size = point14_layout::kSize; plan.pointAt = at; plan.pointV4 = v4; break;
        case kRgb14: size = 6; plan.colourAt = static_cast<int>(at); plan.colourV4 = v4; break;
        case kRgbNir14:
            if (plan.colourAt >= 0) return "both rgb14 and rgbnir14 listed";
            size = 8; plan.colourAt = static_cast<int>(at); plan.nir = true; plan.colourV4 = v4;
            break;
        case kWavePacket14: size = wave_layout::kBytes; plan.waveAt = static_cast<int>(at); plan.waveV4 = v4; break;
        default:
            size = item.size;
            if (size == 0) return "an extra-bytes item of size 0";
            plan.bytesAt = static_cast<int>(at); plan.extraBytes = size; plan.bytesV4 = v4;
            break;
        }
        if (item.size != size)
            return "item type " + std::to_string(item.type) + " of " + std::to_string(item.size) + " bytes";
        plan.order.push_back(item.type);
        at += size;
    }
    if (plan.order.empty()) return "no items";
    if (at != recordLength)
        return "the items make records of " + std::to_string(at) + " bytes, the header says " +
               std::to_string(recordLength);
    return "";
}

// The items of one chunk, coded in one direction.
template <class Side>
struct ChunkCoder {
    const ItemPlan& plan;
    Point14Coder<Side> point;
    std::unique_ptr<ColourCoder<Side>> colour;
    std::unique_ptr<WaveCoder<Side>> wave;
    std::unique_ptr<BytesCoder<Side>> bytes;
    std::vector<Side*> layers;  // in the order their sizes and bytes are stored

    explicit ChunkCoder(const ItemPlan& p) : plan(p) {
        point.tellsEveryChannel = plan.pointV4;
        for (uint16_t type : plan.order) {
            switch (type) {
            case kPoint14:
                for (Side& s : point.layers) layers.push_back(&s);
                break;
            case kRgb14:
            case kRgbNir14:
                colour = std::make_unique<ColourCoder<Side>>();
                colour->nir = plan.nir;
                colour->follower.ownLast = plan.colourV4;
                for (size_t i = 0; i < colour->layer_count(); ++i) layers.push_back(&colour->layers[i]);
                break;
            case kWavePacket14:
                wave = std::make_unique<WaveCoder<Side>>();
                wave->follower.ownLast = plan.waveV4;
                layers.push_back(&wave->layers[0]);
                break;
            default:
                bytes = std::make_unique<BytesCoder<Side>>(plan.extraBytes);
                bytes->follower.ownLast = plan.bytesV4;
                for (Side& s : bytes->layers) layers.push_back(&s);
                break;
            }
        }
    }
    void begin(const uint8_t* first) {
        point.begin(first + plan.pointAt);
        const uint32_t channel = point.current;
        if (colour) colour->begin(first + plan.colourAt, channel);
        if (wave) wave->begin(first + plan.waveAt, channel);
        if (bytes) bytes->begin(first + plan.bytesAt, channel);
    }
    void code(uint8_t* record) {
        const uint32_t channel = point.code(record + plan.pointAt);
        if (colour) colour->code(record + plan.colourAt, channel);
        if (wave) wave->code(record + plan.waveAt, channel);
        if (bytes) bytes->code(record + plan.bytesAt, channel);
    }
};

constexpr size_t kCountBytes = 4, kSizeBytes = 4;

}  // namespace

std::string decode_layered_chunk(const Compression& c, uint16_t recordLength, const uint8_t* data, size_t size,
                                 uint32_t points, uint8_t* out, size_t* used) {
    if (used) *used = 0;
    ItemPlan plan;
    if (std::string e = plan_items(c, recordLength, plan); !e.empty()) return e;
    if (points == 0) return "";
    if (size < recordLength) return "chunk of " + std::to_string(size) + " bytes shorter than its first record";

    ChunkCoder<LayerReader> coder(plan);
    size_t at = recordLength + kCountBytes;  // the stored count repeats the chunk table's
    const size_t sizesEnd = at + kSizeBytes * coder.layers.size();
    if (sizesEnd > size) return "chunk of " + std::to_string(size) + " bytes ends in its layer sizes";
    size_t layerAt = sizesEnd;
    for (size_t i = 0; i < coder.layers.size(); ++i, at += kSizeBytes) {
        const uint32_t bytes = load32(data + at);
        if (bytes > size - layerAt)
            return "layer " + std::to_string(i) + " of " + std::to_string(bytes) + " bytes runs past the chunk end";
        LayerReader& layer = *coder.layers[i];
        // returns and X/Y are always decoded; another layer without bytes did not change
        layer.live = bytes > 0 || i == kLayerXY;
        start_decoder(layer.decoder, data + layerAt, bytes);
        layerAt += bytes;
    }
    if (used) *used = layerAt;

    std::memcpy(out, data, recordLength);
    coder.begin(out);
    uint8_t* record = out;
    const Decoder& returnsXY = coder.layers[kLayerXY]->decoder;
    for (uint32_t i = 1; i < points && !returnsXY.overrun; ++i) {  // a cut layer stops the chunk early
        record += recordLength;
        coder.code(record);
    }
    if (points == 1) return "";
    if (coder.point.damaged) return "damaged chunk (a GPS time no encoder writes)";
    for (size_t i = 0; i < coder.layers.size(); ++i)
        if (coder.layers[i]->live && coder.layers[i]->decoder.overrun)
            return "damaged chunk (layer " + std::to_string(i) + " ends before its points)";
    return "";
}

void encode_layered_chunk(const Compression& c, uint16_t recordLength, const uint8_t* records, uint32_t points,
                          std::vector<uint8_t>& out) {
    ItemPlan plan;
    if (points == 0 || !plan_items(c, recordLength, plan).empty()) return;
    out.insert(out.end(), records, records + recordLength);

    ChunkCoder<LayerWriter> coder(plan);
    for (LayerWriter* layer : coder.layers) layer->start();
    coder.begin(records);
    std::vector<uint8_t> record(recordLength);
    for (uint32_t i = 1; i < points; ++i) {
        std::memcpy(record.data(), records + static_cast<size_t>(i) * recordLength, recordLength);
        coder.code(record.data());
    }

    uint8_t word[4];
    store32(word, points);
    out.insert(out.end(), word, word + 4);
    std::vector<uint32_t> kept(coder.layers.size());
    for (size_t i = 0; i < coder.layers.size(); ++i) {
        LayerWriter& layer = *coder.layers[i];
        finish_encoder(layer.encoder);
        // returns, X/Y and Z are always stored; another layer only when it changes
        const bool keep = i == kLayerXY || i == kLayerZ || layer.differs;
        kept[i] = keep ? static_cast<uint32_t>(layer.bytes.size()) : 0;
        store32(word, kept[i]);
        out.insert(out.end(), word, word + 4);
    }
    for (size_t i = 0; i < coder.layers.size(); ++i)
        if (kept[i]) out.insert(out.end(), coder.layers[i]->bytes.begin(), coder.layers[i]->bytes.end());
}

}  // namespace laz
