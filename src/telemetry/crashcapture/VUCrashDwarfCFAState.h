#pragma once
// The register-rule table of one unwinding step: the CIE's initial instructions and then the
// FDE's instructions up to the pc are run on it (eval_program), and the rules it ends with
// turn the current frame into its caller's (apply_state).
//
// Fixed size, on the caller's stack: a pool of 100 register entries shared by up to 6 levels
// (the current one and 5 remembered by DW_CFA_remember_state), 14 hash buckets a level.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashAsyncThreadState.h"
#include "VUCrashAsyncPageCache.h"
#include "VUCrashDwarfFrameReader.h"

typedef enum {
  VUCRASH_DWARF_CFA_REG_RULE_OFFSET = 0,
  VUCRASH_DWARF_CFA_REG_RULE_VAL_OFFSET = 1,
  VUCRASH_DWARF_CFA_REG_RULE_REGISTER = 2,
  VUCRASH_DWARF_CFA_REG_RULE_EXPRESSION = 3,
  VUCRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION = 4,
  VUCRASH_DWARF_CFA_REG_RULE_SAME_VALUE = 5,
} vucrash_dwarf_cfa_reg_rule_t;

typedef enum {
  VUCRASH_DWARF_CFA_STATE_CFA_TYPE_UNDEFINED = 0,
  VUCRASH_DWARF_CFA_STATE_CFA_TYPE_EXPRESSION = 1,
  VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER = 2,
  VUCRASH_DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED = 3,
} vucrash_dwarf_cfa_state_cfa_type_t;

#define VUCRASH_DWARF_CFA_STATE_REGNUM_MAX UINT32_MAX

namespace vucrash {
namespace VU {
namespace async {

template <typename machine_ptr, typename machine_ptr_s>
class dwarf_cfa_state {
 public:
  enum : uint8_t { kPoolSize = 100, kMaxLevels = 6, kBucketCount = 14, kEnd = 255 };

  struct cfa_rule {
    vucrash_dwarf_cfa_state_cfa_type_t type;
    uint32_t reg;                        // register rules
    machine_ptr offset;                  // unsigned or signed by type
    vucrash_vm_address_t expression;     // expression rule: task address of its bytes
    vucrash_vm_size_t expression_length;
  };

  struct entry {
    machine_ptr value;
    uint32_t regnum;
    uint32_t rule;
    uint8_t next;
  };

  dwarf_cfa_state();

  bool set_register(uint32_t regnum, vucrash_dwarf_cfa_reg_rule_t rule, machine_ptr value);
  bool get_register_rule(uint32_t regnum, vucrash_dwarf_cfa_reg_rule_t *rule, machine_ptr *value) const;
  void remove_register(uint32_t regnum);
  uint8_t get_register_count() const { return register_count_[level_]; }

  void set_cfa_register(uint32_t regnum, machine_ptr offset);
  void set_cfa_register_signed(uint32_t regnum, machine_ptr_s offset);
  void set_cfa_expression(vucrash_vm_address_t address, vucrash_vm_size_t length);
  cfa_rule get_cfa_rule() const { return cfa_[level_]; }

  // Remembers the current level: false when 6 levels are in use or the pool cannot hold the
  // copy. pop_state returns the popped level's entries to the pool; false at level 0.
  bool push_state();
  bool pop_state();
  uint8_t get_level() const { return level_; }
  // Entries not in use, for the tests of the pool.
  uint8_t free_entry_count() const;

  vucrash_error_t eval_program(const vucrash_async_mobject_t *mobj, machine_ptr pc,
                               machine_ptr initial_loc, const vucrash_async_dwarf_cie_info_t *cie_info,
                               const gnu_ehptr_reader<machine_ptr> *ptr_reader,
                               const vucrash_async_byteorder_t *byteorder,
                               vucrash_vm_address_t address, vucrash_vm_off_t offset,
                               vucrash_vm_size_t length);

  vucrash_error_t apply_state(vucrash_task_t task, const vucrash_async_dwarf_cie_info_t *cie_info,
                              const vucrash_async_thread_state_t *thread_state,
                              const vucrash_async_byteorder_t *byteorder,
                              vucrash_async_thread_state_t *new_thread_state,
                              vucrash_async_page_cache_t *stack = nullptr) const;

  // Lists the current level's rules bucket by bucket, along each chain.
  class iterator {
   public:
    explicit iterator(const dwarf_cfa_state *state) : state_(state) {}
    bool next(uint32_t *regnum, vucrash_dwarf_cfa_reg_rule_t *rule, machine_ptr *value);

   private:
    const dwarf_cfa_state *state_;
    uint8_t bucket_ = 0;
    uint8_t entry_ = kEnd;
    bool started_ = false;
  };

 private:
  bool copy_level(uint8_t from, uint8_t to);
  void free_level(uint8_t level);
  uint8_t take_entry();

  entry entries_[kPoolSize];
  uint8_t free_list_;
  uint8_t level_;
  uint8_t register_count_[kMaxLevels];
  uint8_t table_[kMaxLevels][kBucketCount];
  cfa_rule cfa_[kMaxLevels];
};

}  // namespace async
}  // namespace VU
}  // namespace vucrash
