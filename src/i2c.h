// i2c: byte register access to one slave on an open i2c-dev descriptor.
#pragma once

// Each access is a single I2C_RDWR transfer. No state.
class i2c {
public:
	// The byte read (0-255), or -1 when the transfer fails.
	int read_i2c_register(int file, unsigned char addr, unsigned char reg);
	// 0 on success, 1 when the transfer fails.
	int set_i2c_register(int file, unsigned char addr, unsigned char reg, unsigned char value);
};
