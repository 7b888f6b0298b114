#pragma once

namespace nuvlet {

// Which silhouette the brightness glyph carries: a laptop or a monitor on a stand.
enum class DisplayKind { BuiltIn, External };

}  // namespace nuvlet
