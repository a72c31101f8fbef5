#pragma once

// Aiming off, where headroom alone fails: on text or a logo on white, the blocks that lose their
// bit in the copies sit on hard edges, whose scores scaling and JPEG move by a large amount that is
// much the same in every copy. Each block whose drift exceeds 0.2 × step gets its target moved so
// that the range of its drifts (the card's own zero included) is centred on its quantised value,
// at most 0.35 × step away, so the card and its gentle copies still read; measured twice, since
// the aim changes the drift a little. Costs up to two drift measurements (five copies each) and
// two rewrites of the card.

#include <functional>
#include <vector>

#include "buffer.h"
#include "self_check.h"

namespace mirelo::services::roomcard::watermark {

// Moves `offsets` (one per data block) for the card in `pixels` at `step`, calling `remake` to
// write the card again after each move; whether the card was remade. False without a remake when
// more than a quarter of the codewords' worth of blocks would leave their bin even once aimed:
// aiming cannot save this strength.
bool aimOff(SelfCheck& check, const Buffer& pixels, int step, std::vector<double>& offsets,
            const std::function<void()>& remake);

}  // namespace mirelo::services::roomcard::watermark
