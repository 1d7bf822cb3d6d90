// Entities: the values of a module, named by a command (the entity class)
// and an index, read and written with UEI messages through the module's
// link. Nothing here throws; every failure is an aErr: aErrResource for an
// entity without a module or link, aErrTimeout when the module does not
// answer, or the module's own error code from an error answer.
#ifndef QUILLAREX_API_ENTITY_H
#define QUILLAREX_API_ENTITY_H

#include <cstddef>
#include <cstdint>

#include "api/Module.h"
#include "api/aUEI.h"
#include "common/aError.h"

namespace Vexmoran {
namespace Quillarex {

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // The module is not owned and must outlive the entity's use.
    aErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex();

    // Raw packets to and from the module (see Link::sendPacket and
    // Link::receivePacket).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // One get, set or call of an option. A get whose record has type 8-bit
    // sends that value as a subindex.
    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
    aErr callUEI(uint8_t option);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // A null out-parameter gives aErrParam.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    // Byte arrays. A set sends the bytes in messages of 24 and awaits one
    // acknowledgement. A get collects the answer's messages in sequence
    // into the buffer: aErrParam for a null buffer or count or a capacity of
    // 0; aErrMemory when the answer does not fit. *count tells how many
    // bytes arrived, also after a failure.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of unitSize elements: aErrMemory (count
    // unchanged) when it is not a whole multiple.
    aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits 1000 ms, sending nothing, for a 32-bit report on the option
    // byte as given. The third argument is unused.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
    // Drops every queued message of this entity for the option byte.
    aErr drainUEI(uint8_t option);

    // Asks the module's store entity to save, load or reset this entity.
    aErr saveEntityToStore();
    aErr loadEntityFromStore();
    aErr resetEntityToFactoryDefaults();

    struct impl;

  protected:
    Module* module();
    uint8_t command();

  private:
    aErr linkOf(Link** link);
    aErr getTyped(uint8_t option, const uint8_t* subindex, uint32_t width, uint32_t* value);
    template <typename T>
    aErr getNarrow(uint8_t option, const uint8_t* subindex, uint32_t width, T* value);
    aErr setTyped(uint8_t option, const uint8_t* subindex, uint32_t type, uint32_t value);
    aErr setRecord(uint8_t option, const uint8_t* subindex, uei* record);
    aErr storeRequest(uint8_t option);

    impl* m_impl;
};

}  // namespace Quillarex
}  // namespace Vexmoran

#endif
