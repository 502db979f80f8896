/* A qemu-user TCG plugin that counts executed guest instructions: each translated block adds its
   instruction count to a counter every time it runs (an inline add, no call per block), and the
   total is printed at exit. Debian's qemu ships plugin support but neither the example plugins
   nor their header, so the few calls used are declared here as qemu 7.2's plugin API defines
   them (version 1). count.sh checks the total against qemu's own one-instruction-per-block log
   (-singlestep -d nochain,exec) on one run before trusting it.
   Build: gcc -O2 -shared -fPIC insn_plugin.c -o insn_plugin.so
   Use:   qemu-aarch64 -plugin ./insn_plugin.so -d plugin PROGRAM ... (the total goes to the log) */
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
typedef struct qemu_info_t qemu_info_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op, void *ptr,
                                              uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);
void qemu_plugin_outs(const char *string);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

static uint64_t executed;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed, qemu_plugin_tb_n_insns(tb));
}

static void at_end(qemu_plugin_id_t id, void *userdata) {
  (void)id, (void)userdata;
  char line[64];
  snprintf(line, sizeof line, "insns %" PRIu64 "\n", executed);
  qemu_plugin_outs(line);
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info,
                                                               int argc, char **argv) {
  (void)info, (void)argc, (void)argv;
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, at_end, NULL);
  return 0;
}
