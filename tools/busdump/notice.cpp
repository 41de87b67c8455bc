#include "tools/busdump/notice.h"

namespace busdump {

const char* notice_kind_name(Notice::Kind kind) {
    switch (kind) {
        case Notice::Kind::sequence_gap: return "sequence_gap";
        case Notice::Kind::restart: return "restart";
        case Notice::Kind::sequence_back: return "sequence_back";
        case Notice::Kind::sequence_jump: return "sequence_jump";
        case Notice::Kind::index_gap: return "index_gap";
        case Notice::Kind::index_back: return "index_back";
        case Notice::Kind::malformed: return "malformed";
        case Notice::Kind::new_source: return "new_source";
        case Notice::Kind::card_serial: return "card_serial";
        case Notice::Kind::card_loss: return "card_loss";
        case Notice::Kind::queue_refused: return "queue_refused";
        case Notice::Kind::send_failed: return "send_failed";
        case Notice::Kind::receiver_drop: return "receiver_drop";
    }
    return "?";
}

}  // namespace busdump
