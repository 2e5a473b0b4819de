#include "oath/transport.h"

#include "oath/apdu.h"

namespace oath {

Result<Answer> exchange(Transport& transport, ByteView apdu) {
  auto answer = transport.transmit(apdu);
  if (!answer)
    return answer;
  Answer joined;
  const Bytes more = send_remaining_command();
  for (size_t round = 0; (answer->sw >> 8) == sw::more_data; ++round) {
    append(joined.data, answer->data);
    if (joined.data.size() > max_chained_size || round >= max_chained_rounds)
      return Failure{Fault::malformed, Step::none,
                     "chained answer of more than " + std::to_string(max_chained_size)
                       + " bytes or " + std::to_string(max_chained_rounds) + " pieces"};
    answer = transport.transmit(more);
    if (!answer)
      return answer;
  }
  append(joined.data, answer->data);
  joined.sw = answer->sw;
  return joined;
}

} // namespace oath
