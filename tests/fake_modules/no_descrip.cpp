// A shared library without a module record.
extern "C" {
int not_a_module_record = 1;
}
