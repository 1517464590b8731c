// i2c: byte register access through the i2c-dev combined-transfer ioctl.
#include "i2c.h"

#include <sys/ioctl.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

int i2c::read_i2c_register(int file, unsigned char addr, unsigned char reg)
{
	unsigned char outbuf = reg;
	unsigned char inbuf = 0;
	struct i2c_msg messages[2];
	messages[0].addr = addr;
	messages[0].flags = 0;
	messages[0].len = 1;
	messages[0].buf = &outbuf;
	messages[1].addr = addr;
	messages[1].flags = I2C_M_RD;
	messages[1].len = 1;
	messages[1].buf = &inbuf;

	struct i2c_rdwr_ioctl_data packets;
	packets.msgs = messages;
	packets.nmsgs = 2;
	if (ioctl(file, I2C_RDWR, &packets) < 0)
		return -1;
	return inbuf;
}

int i2c::set_i2c_register(int file, unsigned char addr, unsigned char reg, unsigned char value)
{
	unsigned char outbuf[2] = {reg, value};
	struct i2c_msg message;
	message.addr = addr;
	message.flags = 0;
	message.len = sizeof(outbuf);
	message.buf = outbuf;

	struct i2c_rdwr_ioctl_data packets;
	packets.msgs = &message;
	packets.nmsgs = 1;
	if (ioctl(file, I2C_RDWR, &packets) < 0)
		return 1;
	return 0;
}
