#include "crypto/StringBio.h"

#include <mutex>

namespace qv {
namespace {

int SinkWrite(BIO* bio, const char* data, int length) {
  auto* target = static_cast<std::string*>(BIO_get_data(bio));
  if (!target || length < 0) return -1;
  try {
    target->append(data, static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return length;
}

int SinkPuts(BIO* bio, const char* text) {
  return SinkWrite(bio, text, static_cast<int>(std::char_traits<char>::length(text)));
}

long SinkCtrl(BIO* /*bio*/, int command, long /*number*/, void* /*pointer*/) {
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SinkCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* SinkMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qv string sink");
    BIO_meth_set_write(m, SinkWrite);
    BIO_meth_set_puts(m, SinkPuts);
    BIO_meth_set_ctrl(m, SinkCtrl);
    BIO_meth_set_create(m, SinkCreate);
    return m;
  }();
  return method;
}

}  // namespace

BioPtr StringSinkBio(std::string& target) {
  BioPtr bio(BIO_new(SinkMethod()));
  if (bio) BIO_set_data(bio.get(), &target);
  return bio;
}

}  // namespace qv
