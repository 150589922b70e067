#include "LinkExchange.h"

AttachedConditions::AttachedConditions(TVexaComms& link, TRxCondition& cond)
    : m_link(&link) {
    m_link->AttachCond(&cond);
}

AttachedConditions::~AttachedConditions() {
    if (m_link) {
        m_link->DetachCond();
    }
}
