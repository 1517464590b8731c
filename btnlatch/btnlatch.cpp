// btnlatch: copies the reset-button register to /etc/button_reg_file for the start-up scripts.
//
// Exit status 1 means success and 0 failure, as the start-up scripts expect. Needs only libc.

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include "board_map.h"
#include "vexo_path.h"

int main()
{
	char mem_path[4096];
	char out_path[4096];
	if (vexo_path_into(mem_path, sizeof(mem_path), "/dev/mem") == NULL ||
	    vexo_path_into(out_path, sizeof(out_path), "/etc/button_reg_file") == NULL) {
		puts("ERROR:  open memory is  faild ...");
		return 0;
	}

	int mem_fd = open(mem_path, O_RDWR | O_SYNC);
	if (mem_fd < 0) {
		puts("ERROR:  open memory is  faild ...");
		return 0;
	}

	void* map = mmap(NULL, BUTTON_REG_MAP_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, mem_fd, static_cast<off_t>(BUTTON_REG_BASE));
	if (map == MAP_FAILED) {
		puts("ERROR: mmap is failed  ");
		close(mem_fd);
		return 0;
	}
	volatile uint32_t* reg = static_cast<volatile uint32_t*>(map);

	printf("reset button register is %x  \n", static_cast<unsigned int>(*reg));
	char value = (*reg == 1) ? '1' : '0';

	int out_fd = open(out_path, O_RDWR | O_CREAT | O_TRUNC, 0644);
	if (out_fd < 0) {
		puts("ERROR:  open file is  faild ...");
		munmap(map, BUTTON_REG_MAP_SIZE);
		close(mem_fd);
		return 0;
	}
	if (write(out_fd, &value, 1) != 1) {
		puts("ERROR:  writing file is  faild ...");
		close(out_fd);
		munmap(map, BUTTON_REG_MAP_SIZE);
		close(mem_fd);
		return 0;
	}
	close(out_fd);

	if (munmap(map, BUTTON_REG_MAP_SIZE) != 0) {
		puts("ERROR: munmap is  failed...");
		close(mem_fd);
		return 0;
	}
	close(mem_fd);
	return 1;
}
