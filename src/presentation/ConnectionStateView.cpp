#include "presentation/ConnectionStateView.h"

namespace quorvin::presentation {

PresentationState presentationState(const ConnectionState& state, const PresentationExtras& extras) {
  return {state, extras, state.tokensPerMinute(state.publishedAt), state.recentContext(state.publishedAt)};
}

}  // namespace quorvin::presentation
