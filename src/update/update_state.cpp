#include "update/update_state.h"

UpdateState& update_state() {
    static UpdateState* state = new UpdateState();
    return *state;
}
